// Decides the role: a child when the parent handshake variable names a live
// process of this very executable.
#pragma once

// The variable's value (owned) for a child, null for a parent.
wchar_t* checkParentInstance();
