#include "appmem/AppAreaMem.h"
