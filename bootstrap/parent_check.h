// Decides the role: a child when ZEBRIK_ONEFILE_PARENT names a live process of
// this very executable.
#pragma once

// The variable's value (owned) for a child, null for a parent.
wchar_t* checkParentInstance();
