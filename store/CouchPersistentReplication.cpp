#include "store/CouchPersistentReplication.h"
