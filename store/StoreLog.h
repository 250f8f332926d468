#pragma once

// How much the store writes to the system log. The HTTP layer logs one line per
// request and reply status from level 3 on; the document layer logs failures
// from level 1 on. Passwords never reach the log at any level.
extern int gRESTLogLevel;
extern int gCouchLogLevel;
