#include "net/UdpServer.h"
