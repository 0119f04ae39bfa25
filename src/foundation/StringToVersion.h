#pragma once
// Version texts "major.minor.revision".

// Parses text as sscanf("%d.%d.%d") would: blanks before each number, an optional sign, the
// points matched exactly. All three outputs are set to 0 first, then each parsed number is
// stored truncated to 8 bits (numbers beyond the int range saturate first, so any length of
// digits is safe). False when no number was parsed (also for a null text).
bool stringToVersion(const char* text, unsigned char& major, unsigned char& minor, unsigned char& revision);
