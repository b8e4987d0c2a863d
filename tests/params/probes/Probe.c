/* A module that carries nothing but resources, for the version lookup tests. */
int nvpc_version_probe;
