// One record of a sector and the fields it is made of: the writers and
// checkers of single header and entry fields, the record's fixed write
// order (nvSetData) and its room check (nvChkVacancy), nvCalcCksm. All are
// exported and declared in mfpsys/nv.h.
#pragma once

#include "mfpsys/nv.h"
