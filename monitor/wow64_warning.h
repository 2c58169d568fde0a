// The warning that a 32-bit exe runs where it cannot widen a compiler to every processor.
#pragma once

// Reports one warning event when this process is a 32-bit one under WOW64 on 64-bit Windows and
// its processor group has more than 32 logical processors. It names and changes 64-bit compilers
// there too, but WOW64 folds every affinity mask it reports into 32 bits and confines the masks it
// sets to the first 32 processors; the event tells the administrator to install the 64-bit exe.
// The streams are left alone, and a failed query passes silently.
void WarnIfUnderWow64();
