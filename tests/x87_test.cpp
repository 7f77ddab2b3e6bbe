// Tests of this family's entries are added with its kernels.
