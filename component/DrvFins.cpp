#include "component/DrvFins.h"
