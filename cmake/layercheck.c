/* Linked with every object of one layer and the layers below it: the link fails when the
   layer refers to anything of a layer above. Never run. */
int main(void)
{
    return 0;
}
