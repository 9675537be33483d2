// The default boot environment, laid out as the start of an entry area.
#include "mfpsys/env.h"

#include "env/env_internal.h"

// Each entry ends in its NUL; the list ends with an empty entry; the string's
// own terminator is the one further NUL that completes the 1078 bytes.
// Entry 1 repeats the word "bootargs" and entry 18 has a blank after "=":
// the boot loader gets them exactly so.
#define ENV_DEFAULT_ENTRIES                                                              \
    "bootargs=bootargs root=/dev/nfs console=ttyS0 nfsroot=$(serverip):/opt/hardhat/"    \
    "devkit/ppc/7xx/$(hostname) ip=$(ipaddr):$(serverip):$(gatewayip):$(netmask):"       \
    "$(hostname):eth0:off\0"                                                             \
    "bootcmd=run bootq\0"                                                                \
    "bootdelay=1\0"                                                                      \
    "baudrate=9600\0"                                                                    \
    "loads_echo=0\0"                                                                     \
    "ethaddr=ff:ff:ff:ff:ff:ff\0"                                                        \
    "serverip=ff.ff.ff.ff\0"                                                             \
    "hostname=targetXX\0"                                                                \
    "bootfile=zImage.vabel\0"                                                            \
    "loadaddr=1000000\0"                                                                 \
    "zImageaddr=feea0000\0"                                                              \
    "bootq=setenv bootargs root=/dev/mtdblock0 console=ttyS0 quiet; bootm $(zImageaddr)\0" \
    "bootr=setenv bootargs root=/dev/mtdblock0 console=ttyS0 quiet onlyramdisk; "        \
    "bootm $(zImageaddr)\0"                                                              \
    "bootu=setenv bootargs root=/dev/ram console=ttyS0 quiet; bootm $(zImageaddr)\0"     \
    "bootn=tftpboot $(loadaddr) $(bootfile); bootm\0"                                    \
    "updateall=tftpboot 800000 romimage.bin; erase bank 2; cp.b 800000 eec00000 "        \
    "$(filesize)\0"                                                                      \
    "updateinitrd=tftpboot 800000 initrd.bin; erase 2:4-23; cp.b 800000 eec20000 "       \
    "$(filesize)\0"                                                                      \
    "updatekernel= tftpboot 800000 zImage.vabel; erase 2:24-32; cp.b 800000 eeea0000 "   \
    "$(filesize)\0"                                                                      \
    "updatemonitor=tftpboot 800000 ppcboot.bin; erase 2:33-34; cp.b 800000 eefc0000 "    \
    "$(filesize)\0"                                                                      \
    "eraseenv=erase 1:9\0"                                                               \
    "stdin=serial\0"                                                                     \
    "stdout=serial\0"                                                                    \
    "stderr=serial\0"                                                                    \
    "\0"

static_assert(sizeof(ENV_DEFAULT_ENTRIES) == mfpsys::env::kDefaultSize);

const unsigned char env_table[1078] = ENV_DEFAULT_ENTRIES;
