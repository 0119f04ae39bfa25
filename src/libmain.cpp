// Anchor translation unit of libzeltodeviceapi: the folder archives are linked in whole.
