#include "engine/error.h"
