#include "store/StoreLog.h"

int gRESTLogLevel = 0;
int gCouchLogLevel = 0;
