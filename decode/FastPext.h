// PEXT (BMI2) at full speed: the lanes that gather bits with it run only
// where this says so.
#pragma once

// Whether the processor has BMI2 and runs PEXT at full speed (it is
// microcoded, hundreds of cycles, on AMD processors before family 19h).
// Does not wait, never throws.
bool FastPextAvailable();
