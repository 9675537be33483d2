/* declarations added with the family */
#ifndef MFPSYS_DWL_H
#define MFPSYS_DWL_H
#endif /* MFPSYS_DWL_H */
