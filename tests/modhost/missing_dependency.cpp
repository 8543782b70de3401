// Two libraries from one file: `se_gone`, and a library that needs it and is then given to modhost
// where the loader cannot find it, so that modhost must name the missing dependency.
#if defined(SE_GONE_ITSELF)
extern "C" __attribute__((visibility("default"))) int se_gone_value() { return 1; }
#else
extern "C" int se_gone_value();
extern "C" __attribute__((visibility("default"))) int main() { return se_gone_value(); }
#endif
