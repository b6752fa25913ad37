// The precompiled header of Qt that the project's targets share is built for
// this otherwise empty unit.
