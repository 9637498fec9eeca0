#include "output/writers.h"

// Placeholder until the workbook writer lands: never reports success.
bool SaveAsXls(const SettingsRecord&, RunState&, OperatorView& view) {
    view.ShowStatus(1, "XLS形式の保存はこの版では使えません");
    return false;
}
