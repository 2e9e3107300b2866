// Process start-up: the argument vector built from the command line.
#pragma once

#include "platform/platform.h"

#define MODULE_PATH_CCH 256

// Splits lpCmdLine at white space; a pair of double quotes groups white space into one argument
// and the quotes are removed. Writes at most iMaxArgs pointers into rgpszArgs, each pointing
// into pszStorage, which must hold lstrlenW(lpCmdLine) + 1 characters. With a null pszStorage it
// only counts. Returns the number of arguments found (also those that did not fit).
int SplitCommandLine(LPCWSTR lpCmdLine, LPWSTR pszStorage, LPWSTR *rgpszArgs, int iMaxArgs);

// The program's main routine: argument count and vector in, exit code out (always 0).
int ShutdownMain(int argc, LPWSTR *argv);
