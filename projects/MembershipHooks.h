#pragma once

#include <functional>

// Test hook: runs right before each save of a project record's members, so a
// test can write the record meanwhile the way another program would.
namespace trevok::projects_for_testing {
void setBeforeMembersSave(std::function<void()> hook);
} // namespace trevok::projects_for_testing
