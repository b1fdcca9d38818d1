// What the system's libjpeg, libpng and OpenCV's matrix routines give this
// program: their versions, a small image encoded and decoded by each library,
// and a matrix product and singular values, exact to the bit. The consumer
// prints it after using the toolkit, consumer_alone without the toolkit; the
// two must print the same.
#pragma once

#include <string>

std::string systemLibraryFigures();
