#pragma once

// The whole document store client.
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchResource.h"
#include "store/CouchServer.h"
#include "store/RESTOperation.h"
#include "store/StoreLog.h"
