#include "formlib/form.h"

FormStore formStore;
