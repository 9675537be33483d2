/* declarations added with the family */
#ifndef MFPSYS_ENV_H
#define MFPSYS_ENV_H
#endif /* MFPSYS_ENV_H */
