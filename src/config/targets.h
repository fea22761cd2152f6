#pragma once
// Target objects: the QDL_OBJECT.<n> sections of the session configuration.
#include <memory>

#include "config/context.h"
#include "config/coordinate.h"

namespace qd {

// The object of section QDL_OBJECT.<index> (the first whose number, read like "%li",
// equals index). Without such a section: the default object ("DefTarg", aircraft
// "windsock") when no object was found or produced yet in this run, else null.
// When the list ends (null, or index 31 loaded) the file's object sections that were
// never read are reported to ctx.diag.
std::unique_ptr<TargetObject> LoadTargetObject(ConfigContext& ctx, int index);

}  // namespace qd
