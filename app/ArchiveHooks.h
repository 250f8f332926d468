#pragma once

#include <functional>

// Test hooks of archiving.
namespace trevok::projects_for_testing {
// Runs right after the archive database has been created, before the copy
// into it starts (a test can take the database away to make the copy fail).
void setAfterArchiveDatabaseCreated(std::function<void()> hook);
} // namespace trevok::projects_for_testing
