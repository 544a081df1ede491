// Matching of one path component against a pattern component of an exclusion
// list: `*` matches any run of characters (the empty one too), `?` exactly one
// character; letters compare without regard to ASCII case.
#pragma once

// After a `*`, a literal run is tried at its occurrences in the name, each
// search resuming after the end of the occurrence that failed (so *aa does not
// match aaa, while *a and a*a do); exclusion lists written for the servers rely
// on this. Runs in polynomial time whatever the pattern.
bool wildcardMatch(const char* name, const char* pattern);
