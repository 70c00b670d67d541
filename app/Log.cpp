#include "app/Log.h"
