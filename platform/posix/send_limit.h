// How many bytes one send may take at most. A blocking send that a signal
// interrupts midway returns short on both platforms; tests cap sends to
// make that happen on demand. Only the platform library that test programs
// link (dorqin_platform_seams, built with DORQIN_TEST_SEAMS) has the cap:
// in the shipped one send takes whatever the system takes, with no check.
#pragma once

#ifdef DORQIN_TEST_SEAMS
// 0 (the default) takes whatever the system takes.
void SetSendLimit(int maxBytes);
int SendLimit();
#else
inline int SendLimit() { return 0; }
#endif
