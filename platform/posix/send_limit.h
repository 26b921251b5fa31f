// How many bytes one send may take at most. A blocking send that a signal
// interrupts midway returns short on both platforms; tests cap sends to
// make that happen on demand. The program never sets it.
#pragma once

// 0 (the default) takes whatever the system takes.
void SetSendLimit(int maxBytes);
