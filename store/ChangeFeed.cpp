#include "store/ChangeFeed.h"
