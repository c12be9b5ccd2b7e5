// A filter module as a driver ships one: a shared object exporting DllGetClassObject, whose
// classes are the test filters with fixed scripts. Its class ids are listed in
// testfiltermodule.h.
#include "module/testfiltermodule.h"
#include "testfilters.h"

namespace {

struct ModuleClass {
    const CLSID* clsid;
    testfilters::Script (*script)();
};

testfilters::Script Script(testfilters::Script::Act act, int page = 0, bool bytes = false) {
    testfilters::Script script;
    script.act = act;
    script.page = page;
    script.bytes = bytes;
    return script;
}

const ModuleClass kClasses[] = {
    {&testfiltermodule::kPassParts, [] { return Script(testfilters::Script::Act::Pass); }},
    {&testfiltermodule::kPassBytes, [] { return Script(testfilters::Script::Act::Pass, 0, true); }},
    {&testfiltermodule::kFailAtPageTwo,
     [] { return Script(testfilters::Script::Act::FailAtPage, 2); }},
    {&testfiltermodule::kShutdownAtPageOne,
     [] { return Script(testfilters::Script::Act::ShutdownAtPage, 1); }},
    {&testfiltermodule::kNeverRead, [] { return Script(testfilters::Script::Act::NeverRead); }},
    // Nothing releases it: it waits for as long as a filter's gate waits.
    {&testfiltermodule::kIgnoresShutdown,
     [] { return Script(testfilters::Script::Act::IgnoresShutdown); }},
};

} // namespace

extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    for (const ModuleClass& entry : kClasses) {
        if (IsEqualCLSID(clsid, *entry.clsid)) {
            auto* factory = new testfilters::Factory(entry.script());
            const HRESULT hr = factory->QueryInterface(riid, object);
            factory->Release();
            return hr;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}
