#pragma once

#include <functional>

// Test hooks. The first runs right before each save of a project record's members, so a
// test can write the record meanwhile the way another program would.
namespace trevok::projects_for_testing {
void setBeforeMembersSave(std::function<void()> hook);
// Runs between the check of a new project's stem and the creation of its
// database, where another program could take the name.
void setAfterStemCheck(std::function<void()> hook);
} // namespace trevok::projects_for_testing

namespace trevok::projects {
// Runs the hook above, when a test set one.
void afterStemCheck();
} // namespace trevok::projects
