button 0 1
axis 0 -700
button 0 0
gone
