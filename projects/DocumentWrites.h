#pragma once

#include "store/DocumentRewrite.h"

#include <QString>

class CouchDocument;

// Writes of the archiving and deletion flows: each starts from the body the
// server holds at that moment (store/DocumentRewrite.h).
namespace trevok::projects {

using ::Rewrite;
using ::rewriteDocumentAndWait;

// Deletes the document as the server holds it now (see deletionBody()).
Rewrite deleteByRewrite(CouchDocument* document, QString* error);

} // namespace trevok::projects
