#include "app/UpdaterDisplayInterface.h"
