#include "fins/Message.h"
