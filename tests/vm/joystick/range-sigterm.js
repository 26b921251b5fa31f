name "DORQIn Box (dorqin-listen)" axes 6 buttons 16
axis 0 is 0x000 ABS_X
axis 1 is 0x001 ABS_Y
axis 2 is 0x002 ABS_Z
axis 3 is 0x003 ABS_RX
axis 4 is 0x006 ABS_THROTTLE
axis 5 is 0x007 ABS_RUDDER
button 0 is 0x120 BTN_TRIGGER
button 1 is 0x121 BTN_THUMB
button 2 is 0x122 BTN_THUMB2
button 3 is 0x123 BTN_TOP
button 4 is 0x124 BTN_TOP2
button 5 is 0x125 BTN_PINKIE
button 6 is 0x126 BTN_BASE
button 7 is 0x127 BTN_BASE2
button 8 is 0x128 BTN_BASE3
button 9 is 0x129 BTN_BASE4
button 10 is 0x12a BTN_BASE5
button 11 is 0x12b BTN_BASE6
button 12 is 0x12c
button 13 is 0x12d
button 14 is 0x12e
button 15 is 0x12f BTN_DEAD
initial button 0 0
initial button 1 0
initial button 2 0
initial button 3 0
initial button 4 0
initial button 5 0
initial button 6 0
initial button 7 0
initial button 8 0
initial button 9 0
initial button 10 0
initial button 11 0
initial button 12 0
initial button 13 0
initial button 14 0
initial button 15 0
initial axis 0 0
initial axis 1 0
initial axis 2 0
initial axis 3 0
initial axis 4 0
initial axis 5 0
ready
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
