#include "component/FinsServer.h"
