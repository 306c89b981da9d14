// The engine tests run inside an embedded interpreter, since the engines build
// Python results.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    int rc = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return rc;
}
