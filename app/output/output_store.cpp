#include "output/output_store.h"

bool CommitAndKeep(std::unique_ptr<PreparedStore> store, OperatorView& view) {
    if (store == nullptr || store->Commit(view) != StoreState::Committed) {
        return false;
    }
    store->Keep();
    return true;
}

bool OutputStore::CheckTarget(const SettingsRecord&, RunState&, OperatorView&) {
    return true;
}

bool OutputStore::Save(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    return CommitAndKeep(Prepare(settings, run, view), view);
}
