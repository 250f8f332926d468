#include "store/CouchResource.h"
