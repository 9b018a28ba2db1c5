#include "utility/Singleton.h"
