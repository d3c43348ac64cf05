#include "app/exceptions.h"
