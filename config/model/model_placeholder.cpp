// The configuration program's models live in this folder.
