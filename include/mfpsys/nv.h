/* declarations added with the family */
#ifndef MFPSYS_NV_H
#define MFPSYS_NV_H
#endif /* MFPSYS_NV_H */
