#pragma once
// Synchronisation line numbers: the Mk4 tracker family numbers its lines differently from the
// generic numbering of the interface. Inputs compare as unsigned, so negative numbers take the
// result for an unknown line (generic 12, Mk4 7).
int ztl4ToZtl(int mk4Line);
int ztlToZtl4(int line);
