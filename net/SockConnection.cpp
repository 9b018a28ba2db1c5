#include "net/SockConnection.h"
