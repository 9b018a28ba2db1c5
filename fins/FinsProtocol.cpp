#include "fins/FinsProtocol.h"
