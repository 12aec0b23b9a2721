// Binds the signed-in account to the push client: the tags are the set holding the account and the alias
// is the account. The answer of the push client is not observed. Without a stored account (or with one
// that is no string or is empty) there is nothing to bind: a console line, and the push client is not
// called.
#pragma once

class PushTagTool final {
  public:
    static void setPushTag();

    PushTagTool() = delete;
};
