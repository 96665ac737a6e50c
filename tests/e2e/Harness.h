#pragma once

// Runs the real launcher under Wine and shows what a user would see: the exit
// status, the message boxes (from Wine's relay trace), and the files left.
// One include for the tests: files as bytes, the trace reader, Wine runs,
// packages, and the expectations.

#include "Bytes.h"
#include "Expectations.h"
#include "Packages.h"
#include "RelayTrace.h"
#include "WineRun.h"
