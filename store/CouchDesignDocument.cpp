#include "store/CouchDesignDocument.h"
