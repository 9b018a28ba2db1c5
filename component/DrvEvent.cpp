#include "component/DrvEvent.h"
