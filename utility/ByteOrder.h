// The one byte-order helper of the server: every big-endian field read from the wire is turned
// into host order with it, in place.
#pragma once

// Reverses n bytes in place for n of 2, 4, 6 or 8 and returns 0; any other n returns -1 and
// changes nothing.
int SwapByteOrderAll(char* bytes, int n);
