// The lab-compare program over the comparison route.
#pragma once

namespace labcompare {

// The entry point: `lab-compare INPUT TARGET`. Prints "coeffL,meanAB", appends
// the two lines to "For_fit.txt" and returns 0; -1 for a wrong argument count;
// 1 when an image cannot be read (nothing written) or "For_fit.txt" cannot be
// written (the line is still printed).
int mainBhattacharya(int argc, char** argv);

} // namespace labcompare
