#include "net/ISocketServer.h"
