"""Tools around the korvane_core extension: the sample pipeline and the `korvane` command."""
