// A DLL that a running program of the tests loads and holds, as a host holds its own.
extern "C" __declspec(dllexport) int updaterTestDll()
{
    return 1;
}
