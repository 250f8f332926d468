#include "store/CouchDocument.h"
