// Names of the locator's mode codes (1-72, code 11 unused) as the survey log's
// Mode column shows them, and the way back.
#pragma once

constexpr int kModeNameSize = 10; // longest name has nine characters

// Writes the name of code into buffer (at least kModeNameSize bytes); "-1" for a
// code without a name (0, 11, negative, above 72).
void ModeNameFromCode(int code, char* buffer);
// Code of the name that matches text exactly (case-sensitive); 0 when none does.
int ModeCodeFromName(const char* text);
