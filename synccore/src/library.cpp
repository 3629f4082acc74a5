// libsynccore.so is made of the engine and common archives, taken whole;
// this file only gives the library a source of its own.
