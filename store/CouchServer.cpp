#include "store/CouchServer.h"
