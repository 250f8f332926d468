#include "store/CouchQuery.h"
