#include "output/writers.h"

// Placeholder until the database writer lands: never reports success.
bool SaveAsMdb(const SettingsRecord&, RunState&, OperatorView& view) {
    view.ShowStatus(1, "MDB形式の保存はこの版では使えません");
    return false;
}
