// The unpacking of a whole archive into a run's own directory, in one place
// for every road that unpacks.
#pragma once

// Parent: unpacks every record of the attached data, read from its start,
// into a fresh private directory made from `spec`, with the progress window
// when the build asks for it; `whenMade`, when not null, runs once
// the directory exists and before anything is written into it. The per-run
// road, a cached build's first run and its private copy all unpack so. The
// window stays open for the caller to close; any failure is fatal.
void unpackInto(const wchar_t* spec, void (*whenMade)());
