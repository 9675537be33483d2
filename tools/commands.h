// mfpctl's command families, one file each (cmd_<family>.cpp); mfpctl.cpp
// picks the family from the command line and calls it.
#pragma once

#include <string>

#include "tools/cli.h"

namespace mfpctl {

int cmd_nv(const std::string& verb, const Args& a);
int cmd_mac(const std::string& verb, const Args& a);
int cmd_shm(const std::string& verb, const Args& a);
int cmd_dwl(const std::string& verb, const Args& a);
int cmd_flash(const std::string& verb, const Args& a);

}  // namespace mfpctl
