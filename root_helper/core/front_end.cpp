// main: the command-line front end.
