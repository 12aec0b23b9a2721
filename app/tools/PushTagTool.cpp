#include "app/tools/PushTagTool.h"

#include "app/tools/SaveService.h"
#include "platform/foundation/Console.h"
#include "push/Lib/Controller/PUSHService.h"

void PushTagTool::setPushTag() {
    const auto account = SaveService::objectForKey(kSaveServiceAccountKey);
    if (!account || !account->isString() || account->asString()->empty()) {
        NSLog("PushTagTool: no account stored, push tags not set");
        return;
    }
    Value tags = Value::set({*account});
    PUSHService::setTags(tags, *account, [](int, const Value&, const Value&) {});
}
