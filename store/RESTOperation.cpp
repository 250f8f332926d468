#include "store/RESTOperation.h"
