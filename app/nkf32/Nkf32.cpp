// Stand-in for the NKF32.DLL conversion library. wisplog loads it by name at
// start-up and resolves these six entry points, but never calls them; each
// one therefore does nothing.
#define NKF_EXPORT extern "C" __attribute__((visibility("default")))

NKF_EXPORT void GetNkfVersion(char* version) { if (version) version[0] = '\0'; }
NKF_EXPORT int SetNkfOption(const char*) { return 0; }
NKF_EXPORT void NkfConvert(char* out, const char*) { if (out) out[0] = '\0'; }
NKF_EXPORT void ToHankaku(char*) {}
NKF_EXPORT void ToZenkakuKana(char*, const char*) {}
NKF_EXPORT void EncodeSubject(char* out, const char*) { if (out) out[0] = '\0'; }
