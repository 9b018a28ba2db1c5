#include "net/EventLoop.h"
