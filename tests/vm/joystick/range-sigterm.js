axis 0 -32767
axis 1 32767
axis 0 0
axis 1 64
axis 2 -32767
axis 3 32767
axis 0 -26356
axis 1 24944
axis 4 32767
axis 5 -32767
button 0 1
button 1 1
button 0 0
button 1 0
gone
