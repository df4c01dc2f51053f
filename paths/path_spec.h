// Path specs: templates with {NAME} references for values known only at run
// time. The run-to-run values ({PID}, {TIME_US}, {TIME}, {RANDOM}) are taken
// from, or stored into, the environment, so that parent and child agree.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "formats/spec_references.h"

constexpr size_t referenceNameCapacity = 1024; // characters between the braces, with a terminator

// Expands `spec` into `output` (capacity in wide characters, terminator
// included). False when a reference is unknown, a literal does not fit, a
// folder lookup fails or an inherited run value is not of the form this
// program writes ({RANDOM}: eleven characters of the URL-safe alphabet;
// {TIME_US}: six digits; {TIME}: digits); `output` then holds the part
// produced so far.
bool expandPathSpec(wchar_t* output, const wchar_t* spec, size_t capacity);

// Whether an inherited parent identifier has the form a parent writes: ASCII
// digits alone (no sign, no spaces). Both the role decision and {PID} take
// nothing else.
bool isParentIdentifierValue(const wchar_t* value);

// Room for the text of a process identifier, the terminator included.
constexpr size_t processIdentifierCapacity = 16;

// This process's identifier as a parent hands it on and {PID} reads it back:
// decimal ASCII digits alone, no sign, no padding. `text` holds
// processIdentifierCapacity characters.
void formatProcessIdentifier(wchar_t* text);

// The 11-character random string for `seed` (xorshift 13/17/5, URL-safe
// base64); `output` needs room for 12 characters.
void makeRandomString(uint32_t seed, wchar_t* output);
