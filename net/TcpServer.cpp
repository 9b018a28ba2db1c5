#include "net/TcpServer.h"
