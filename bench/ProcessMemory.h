// The benchmark's view of its own memory, in KiB (0 when unknown). Each
// system has its own implementation (bench/<system>/ProcessMemory.cc).
#pragma once

long ResidentKib();
long PeakResidentKib();
