#include "store/CouchDatabase.h"
