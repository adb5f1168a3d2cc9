/* The code of the tests' resource modules: they are loaded only for their
 * version resources, so they need nothing but an exported symbol. */
__declspec(dllexport) int kt_module_marker = 1;
