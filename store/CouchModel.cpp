#include "store/CouchModel.h"
