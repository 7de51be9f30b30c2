#include "util/sysutil.h"

#include <unistd.h>

#include "util/codepage.h"
#include "util/xcommon.h"

std::u16string GetVersionText() { return u"Ver： 0.2.5"; }

std::u16string GetLocalComputerName() {
  char buf[129] = {};
  if (gethostname(buf, 128) != 0) return {};
  std::u16string name = FromAnsi(std::string_view(buf, 128));
  return xTrimNul(name);
}
