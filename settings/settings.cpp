#include "settings/settings.h"

namespace kestrel {

Settings& AppSettings() {
    static Settings record;
    return record;
}

}  // namespace kestrel
