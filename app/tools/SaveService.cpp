#include "app/tools/SaveService.h"

#include "platform/foundation/UserDefaults.h"

void SaveService::setObject(const Value& value, const std::string& key) {
    NSUserDefaults::standardUserDefaults()->setObject(value, key);
}

std::optional<Value> SaveService::objectForKey(const std::string& key) {
    return NSUserDefaults::standardUserDefaults()->objectForKey(key);
}
